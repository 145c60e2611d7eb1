// SPDX-License-Identifier: MIT
// Recodes from several host threads at once give exactly the bytes of the same recodes run one
// at a time (the process-wide lock serialises the module-wide codec state).
#include <gtest/gtest.h>

#include <thread>

#include "kestrum.h"
#include "test_util.h"

namespace kestrum::test {
namespace {

TEST(Concurrency, FourThreadsMatchSerialRecodes) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 16;
  TempDir dir;
  std::vector<std::string> sources;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    const JpegOptions o = baseline_options(50 + i % 50, 0, i % 3);
    const int w = 48 + 7 * (i % 9), h = 48 + 5 * (i % 7);
    const std::string path = dir.path(std::string("s").append(std::to_string(i)).append(".jpg"));
    ASSERT_TRUE(
        write_file(path, libjpeg_encode(photo_rgb(w, h, static_cast<uint32_t>(i)), w, h, o)));
    sources.push_back(path);
  }
  ConsoleCapture quiet;
  KestrumHandle handle = kestrum_Init("KE_100");
  std::vector<Bytes> serial;
  for (const std::string& s : sources) {
    ASSERT_EQ(kestrum_100(handle, s.c_str(), 80), 1);
    Bytes b;
    ASSERT_TRUE(read_file(s.substr(0, s.size() - 4) + "_80.jpg", &b));
    serial.push_back(b);
    std::remove((s.substr(0, s.size() - 4) + "_80.jpg").c_str());
  }
  std::vector<int> results(sources.size(), -1);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kPerThread; ++k) {
        const size_t i = static_cast<size_t>(k * kThreads + t);
        results[i] = kestrum_100(handle, sources[i].c_str(), 80);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  kestrum_Release(handle);
  for (size_t i = 0; i < sources.size(); ++i) {
    ASSERT_EQ(results[i], 1) << i;
    Bytes b;
    ASSERT_TRUE(read_file(sources[i].substr(0, sources[i].size() - 4) + "_80.jpg", &b));
    EXPECT_EQ(b, serial[i]) << sources[i];
  }
}

}  // namespace
}  // namespace kestrum::test
