/* SPDX-License-Identifier: MIT */
/* A C program built against the installed kestrumEx: handle rules and a status code. */
#include <kestrum.h>
#include <stdio.h>

int main(void) {
  KestrumHandle handle = kestrum_Init("KE_100");
  int ok = handle != NULL && kestrum_Init("KE_1000") == NULL && kestrum_Test() == 0;
  ok = ok && jpg_recode_api("/nonexistent/in.jpg", "/nonexistent/out.jpg", 85) == KESTRUM_ERR_SOURCE;
  ok = ok && kestrum_Release(handle) == 1;
  printf("\nconsumer_c: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
