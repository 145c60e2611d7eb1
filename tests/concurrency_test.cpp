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
  constexpr int kThreads = 4, kPerThread = 16;
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
  const auto result_of = [](const std::string& s) { return s.substr(0, s.size() - 4) + "_80.jpg"; };
  ConsoleCapture quiet;
  KestrumHandle handle = kestrum_Init("KE_100");
  std::vector<Bytes> serial(sources.size());
  for (size_t i = 0; i < sources.size(); ++i) {
    ASSERT_EQ(kestrum_100(handle, sources[i].c_str(), 80), 1);
    ASSERT_TRUE(read_file(result_of(sources[i]), &serial[i]));
    std::remove(result_of(sources[i]).c_str());
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
    ASSERT_TRUE(read_file(result_of(sources[i]), &b));
    EXPECT_EQ(b, serial[i]) << sources[i];
  }
}

}  // namespace
}  // namespace kestrum::test
