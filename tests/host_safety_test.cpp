// SPDX-License-Identifier: MIT
// What a host must never pay for a bad file or a careless call: logs that grow with the input,
// stream bytes that look like markers, a console shared between threads, hostile frames and the
// memory kept after them, and what a written destination is named and may be read by. (That no
// result depends on the call before is the fuzz entries' check, replayed by FuzzReplay.)
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "api/pipeline.h"
#include "api/process_state.h"
#include "kestrum.h"
#include "kestrum/recode_any.h"
#include "platform/heap.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrum::test {
namespace {

class HostSafety : public ::testing::Test {
 protected:
  TempDir dir_;
};

Bytes photo(int w, int h) { return libjpeg_encode(photo_rgb(w, h, 3), w, h, baseline_options(90)); }

void append_text(const char* text, void* log) { *static_cast<std::string*>(log) += text; }

const std::string kNotice = "Too many messages: further messages of this file are suppressed.\n";

// What a successful recode of a w x h 4:2:0 file prints.
std::string success_log(int w, int h) {
  return "file width: " + std::to_string(w) + "\nfile height: " + std::to_string(h) +
         "\ninput jpeg file is ycbcr411 format\nencoding jpg successfully!\n\n";
}

// One recode prints at most kMaxRecodeMessages messages of its own, then one notice, then only its
// final line: a few bytes of input can no longer print tens of bytes of log each.
TEST_F(HostSafety, LogFloodsStopAfterTheLimit) {
  // what follows an SOI, and how often: unknown markers, second SOIs, APP segments
  for (const auto& [body, repeat] :
       {std::pair{Bytes{0xFF, 0x01}, 32768}, std::pair{Bytes{0xFF, 0xD8}, 32768},
        std::pair{Bytes{0xFF, 0xE5, 0x00, 0x02}, 16384}}) {
    SCOPED_TRACE(body[1]);
    Bytes source = {0xFF, 0xD8};
    for (int32_t i = 0; i < repeat; ++i) source.insert(source.end(), body.begin(), body.end());
    const ConsoleCapture capture;
    Bytes out;
    const int32_t status = recode_in_memory(source, 85, &out);
    const std::string& log = capture.text();
    EXPECT_LT(status, 0);
    const size_t at = log.find(kNotice);
    ASSERT_NE(at, std::string::npos) << log.substr(0, 200);
    EXPECT_EQ(log.find(kNotice, at + 1), std::string::npos);
    // What follows the notice is the final line alone.
    EXPECT_EQ(log.substr(at + kNotice.size()),
              "jpg dec failed. ret=" + std::to_string(status) + "\n");
    EXPECT_LT(log.size(), size_t{100} * 1024);
  }
}

// The notice comes with the first message past the limit, not before; final lines still pass.
// Only a recode's messages count against its limit: the codec's messages outside a recode (its
// direct calls, here twice the limit before each recode) never silence a later call, in a recode
// or outside one.
TEST_F(HostSafety, TheLimitIsExact) {
  std::string outside;
  set_console_sink(append_text, &outside);
  for (int32_t messages : {kMaxRecodeMessages, kMaxRecodeMessages + 1, kMaxRecodeMessages + 50}) {
    for (int32_t i = 0; i < 2 * kMaxRecodeMessages; ++i) console_log("m\n");
    std::string log;
    open_recode_console(ConsoleTarget{append_text, &log});
    for (int32_t i = 0; i < messages; ++i) console_log("m%d\n", i);
    console_final("final %d\n", -2);
    close_recode_console();
    std::string expected;
    for (int32_t i = 0; i < messages && i < kMaxRecodeMessages; ++i) {
      expected.append("m").append(std::to_string(i)).append("\n");
    }
    if (messages > kMaxRecodeMessages) expected += kNotice;
    EXPECT_EQ(log, expected + "final -2\n") << messages;
    outside.clear();
    console_log("after\n");
    EXPECT_EQ(outside, "after\n") << messages;
  }
  set_console_sink(nullptr, nullptr);
}

// A quantization table may hold 255 followed by 216: the bytes FF D8. Such a pair in a header
// DQT segment is a table value, not a second start of image, while an EXIF thumbnail's SOI in an
// APP1 still counts (its scan is passed over).
TEST_F(HostSafety, TableValuesFfD8AreNoStartOfImage) {
  const Bytes base = photo(96, 64);
  const size_t dqt = segment_offset(base, 0xDB);
  ASSERT_NE(dqt, 0u);
  for (size_t k : {size_t{0}, size_t{30}, size_t{62}}) {
    SCOPED_TRACE(k);
    Bytes patched = base;
    patched[dqt + 5 + k] = 0xFF;  // zig-zag entries k and k + 1 of the first table
    patched[dqt + 6 + k] = 0xD8;
    RawPlanes reference;
    ASSERT_TRUE(libjpeg_decode_raw(patched, &reference));
    const OurDecode ours = decode_ours(patched);
    EXPECT_EQ(ours.status, 0) << ours.log;
    EXPECT_EQ(ours.width, 96);
  }
}

// recode_any on two threads at once, with files that take the libjpeg way (4:4:4, progressive)
// and the library's own, while jpg_recode_api runs on a third: each result is the one the call
// gives alone, its log included, and the console holds jpg_recode_api's lines only. (Named for the
// ThreadSanitizer run's filter.)
TEST_F(HostSafety, ConsolesAndResultsOfConcurrentCallsStayApart) {
  const std::string src = dir_.path("photo.jpg");
  const std::string dst = dir_.path("out.jpg");
  ASSERT_TRUE(write_file(src, photo(100, 75)));
  const std::vector<Bytes> sources = {
      libjpeg_encode(photo_rgb(120, 90, 3), 120, 90, layout_options(1, 1)),
      libjpeg_encode(photo_rgb(96, 80, 4), 96, 80, layout_options(2, 2, 3, true)), photo(64, 48)};
  RecodeAnyOptions options;
  std::vector<RecodeAnyResult> alone;
  alone.reserve(sources.size());
  for (const Bytes& s : sources) alone.push_back(recode_any(s.data(), s.size(), options));
  EXPECT_EQ(alone[0].status, 0) << alone[0].log;
  EXPECT_EQ(alone[1].status, 0) << alone[1].log;
  EXPECT_EQ(alone[2].log, success_log(64, 48));
  constexpr int kRounds = 40;
  ConsoleCapture capture;
  std::vector<std::vector<RecodeAnyResult>> results(2);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const Bytes& s = sources[(t + static_cast<size_t>(i)) % sources.size()];
        results[t].push_back(recode_any(s.data(), s.size(), options));
      }
    });
  }
  for (int i = 0; i < kRounds; ++i) EXPECT_EQ(jpg_recode_api(src.c_str(), dst.c_str(), 85), 0);
  for (std::thread& t : threads) t.join();
  std::string lines;
  for (int i = 0; i < kRounds; ++i) lines += success_log(100, 75);
  EXPECT_EQ(capture.text(), lines);
  for (size_t t = 0; t < 2; ++t) {
    for (size_t i = 0; i < results[t].size(); ++i) {
      const RecodeAnyResult& expected = alone[(t + i) % sources.size()];
      EXPECT_EQ(results[t][i].status, expected.status) << t << " " << i;
      EXPECT_EQ(results[t][i].log, expected.log) << t << " " << i;
      EXPECT_TRUE(results[t][i].stream == expected.stream) << t << " " << i;
    }
  }
}

// Frames that claim what they do not hold. A frame of no rows (height 0, given only by a DNL
// segment that the decoder does not read) or no columns is refused as a malformed stream, and
// nothing is written. The image block is kept between recodes only for a frame whose data was all
// there: a few hundred bytes that claim a large frame leave nothing resident after the call,
// whether the stream ends there or with an EOI, while the same frame with all its data is kept.
TEST_F(HostSafety, HostileFramesAreRefusedOrLeaveNoKeptBlock) {
  release_retained_block();
  RecodePlan whole_image;  // the one-pass recode keeps no image block at all
  whole_image.is_streaming = false;
  set_recode_plan(whole_image);
  const Bytes base = photo(64, 48);
  const size_t sos = segment_offset(base, 0xDA);
  ASSERT_NE(sos, 0u);
  Bytes claim = with_frame_size(base, 2000, 2000);
  claim.resize(sos + 40);  // the scan's data runs out at once
  Bytes claim_with_eoi = claim;
  claim_with_eoi.insert(claim_with_eoi.end(), {0xFF, 0xD9});
  ASSERT_GE(size_t{2000} * 2000 * 3 / 2, kRetainMinBytes);
  const struct {
    const char* name;
    Bytes jpeg;
    int32_t status;
    bool is_kept;
  } cases[] = {
      {"64 x 0", with_frame_size(base, 64, 0), -2, false},
      {"0 x 48", with_frame_size(base, 0, 48), -2, false},
      {"0 x 0", with_frame_size(base, 0, 0), -2, false},
      {"65535 x 0", with_frame_size(base, 65535, 0), -2, false},
      {"2000 x 2000 cut short", claim, 0, false},
      {"2000 x 2000 cut short, with EOI", claim_with_eoi, 0, false},
      {"2000 x 2000 whole",
       libjpeg_encode(photo_rgb(2000, 2000, 1), 2000, 2000, baseline_options(50)), 0, true},
  };
  const std::string src = dir_.path("frame.jpg"), dst = dir_.path("out.jpg");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file(src, c.jpeg));
    ConsoleCapture capture;
    EXPECT_EQ(jpg_recode_api(src.c_str(), dst.c_str(), 85), c.status);
    if (c.status != 0) {
      EXPECT_NE(capture.text().find("jpg dec failed. ret=-2\n"), std::string::npos)
          << capture.text();
    }
    EXPECT_EQ(file_exists(dst), c.status == 0);
    const size_t kept = retained_block_bytes();
    EXPECT_TRUE(c.is_kept ? kept >= size_t{2000} * 2000 * 3 / 2 : kept == 0) << kept;
    std::remove(dst.c_str());
  }
  release_retained_block();
}

TEST_F(HostSafety, NoBlockAboveTheBoundIsKept) {
  release_retained_block();
  for (size_t bytes : {kRetainMaxBytes, kRetainMaxBytes + 4096}) {
    void* block = heap_malloc(bytes);
    ASSERT_NE(block, nullptr);
    keep_block(block, bytes);
    EXPECT_EQ(retained_block_bytes(), bytes <= kRetainMaxBytes ? bytes : 0u) << bytes;
    release_retained_block();
  }
}

#if !defined(_WIN32)
// While a private destination is being replaced, its result is never open to others: the
// temporary file is made owner-only, not given the mode after it was made. A watcher looks at
// every file the moment it appears.
TEST_F(HostSafety, APrivateDestinationIsNeverOpenToOthers) {
  const std::string src = dir_.path("photo.jpg");
  const std::string dst = dir_.path("private.jpg");
  ASSERT_TRUE(write_file(src, photo(64, 48)));
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir_.path("").c_str(), IN_CREATE), 0);
  std::atomic<bool> done{false};
  std::atomic<int> seen{0}, open_to_others{0};
  std::thread watcher([&] {
    alignas(inotify_event) char events[4096];
    pollfd p{watch, POLLIN, 0};
    while (!done) {
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t got = read(watch, events, sizeof events);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        struct stat info;
        const std::string name = event->len > 0 ? event->name : "";
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0 &&
            stat(dir_.path(name).c_str(), &info) == 0) {
          ++seen;
          if ((info.st_mode & 077) != 0) ++open_to_others;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
  ASSERT_TRUE(write_file(dst, {1, 2, 3}));
  ASSERT_EQ(chmod(dst.c_str(), 0600), 0);
  for (int round = 0; round < 300; ++round) {
    ConsoleCapture quiet;
    ASSERT_EQ(jpg_recode_api(src.c_str(), dst.c_str(), 85), 0);
  }
  done = true;
  watcher.join();
  close(watch);
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(open_to_others.load(), 0) << "of " << seen.load() << " files seen";
}
#endif

// Destinations that are written: names up to the file systems' 255-byte limit, with no temporary
// file left over, and a replaced destination that keeps its permission bits.
TEST_F(HostSafety, DestinationsAreWrittenWithTheirNameAndMode) {
  const std::string src = dir_.path("photo.jpg");
  ASSERT_TRUE(write_file(src, photo(64, 48)));
  // the name's length, the mode of the file it replaces (0: none there)
#if defined(_WIN32)
  const std::pair<size_t, int> cases[] = {{100, 0}, {180, 0}};  // within MAX_PATH
#else
  const std::pair<size_t, int> cases[] = {{200, 0}, {230, 0},  {241, 0},  {250, 0},
                                          {255, 0}, {7, 0600}, {7, 0640}, {7, 0604}};
#endif
  for (const auto& [length, mode] : cases) {
    SCOPED_TRACE(testing::Message() << length << " " << std::oct << mode);
    const std::string name = std::string(length - 4, 'n') + ".jpg";
    const std::string dst = dir_.path(name);
#if !defined(_WIN32)
    if (mode != 0) {
      ASSERT_TRUE(write_file(dst, {1, 2, 3}));
      ASSERT_EQ(chmod(dst.c_str(), static_cast<mode_t>(mode)), 0);
    }
#endif
    ConsoleCapture quiet;
    ASSERT_EQ(jpg_recode_api(src.c_str(), dst.c_str(), 85), 0) << quiet.text();
    EXPECT_EQ(dir_.list(), (std::vector<std::string>{name, "photo.jpg"}));
#if !defined(_WIN32)
    struct stat info {};
    ASSERT_EQ(stat(dst.c_str(), &info), 0);
    EXPECT_TRUE(mode == 0 || (info.st_mode & 07777) == static_cast<mode_t>(mode)) << info.st_mode;
#endif
    std::remove(dst.c_str());
  }
}

}  // namespace
}  // namespace kestrum::test
