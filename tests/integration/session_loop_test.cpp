// The session loop in process, on pipes and a clock that moves only when told.
#include "session.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "mcp_process.h"
#include "server_limits.h"

namespace {

// Reads one line from `fd`, without its "\n".
std::string read_line(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

TEST(SessionLoopTest, WarmBuffersAreKeptBetweenCallsAndGoBackOnceTheInputIsQuiet) {
  int in[2], out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  FakeClock clock;
  Upstream upstream("", clock);  // no core: pings need none
  Session session(in[0], out[1], upstream, clock);

  // A 3 MB line grows the input buffer; it is kept after the answer.
  const std::string padded = std::string(3u << 20, ' ') + ping(1) + "\n";
  std::thread writer(
      [&] { ASSERT_EQ(::write(in[1], padded.data(), padded.size()), std::ssize(padded)); });
  ASSERT_TRUE(session.serve_one());
  writer.join();
  EXPECT_EQ(read_line(out[0]), pong(1));
  EXPECT_GT(session.held(), limits::kIdleKeptBuffer);

  // The next read waits; once a quiet moment has passed on the clock, the
  // buffers go back before the next line comes.
  std::thread next([&] { EXPECT_TRUE(session.serve_one()); });
  EXPECT_FALSE(clock.pass(limits::kIdle));
  const std::string line = ping(2) + "\n";
  ASSERT_EQ(::write(in[1], line.data(), line.size()), std::ssize(line));
  next.join();
  EXPECT_EQ(read_line(out[0]), pong(2));
  EXPECT_LT(session.held(), limits::kIdleKeptBuffer);
  EXPECT_EQ(clock.lapses(), std::vector<FakeClock::Span>{limits::kIdle});
  for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
}

}  // namespace
