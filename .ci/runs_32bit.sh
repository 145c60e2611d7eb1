#!/usr/bin/env bash
# Exits 0 when this machine executes 32-bit x86 programs, 1 when it does not. The probe is the
# smallest static i386 ELF there is: the Linux system call exit(42) and nothing else, so no 32-bit
# library, loader or wine is needed to tell.
set -u
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes), one PT_LOAD program header (32 bytes), then
# mov eax, 1; mov ebx, 42; int 0x80.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' > "$probe"
printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >> "$probe"
printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000' >> "$probe"
printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >> "$probe"
printf '\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000' >> "$probe"
printf '\270\001\000\000\000\273\052\000\000\000\315\200' >> "$probe"
chmod +x "$probe"
"$probe" 2> /dev/null
[ $? = 42 ]
