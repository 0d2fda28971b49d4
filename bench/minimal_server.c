/* The floor for cold start: a process that reads one line and answers it
 * with an initialize result of the server's size, and nothing else. The
 * end-to-end benchmark spawns it exactly as it spawns trelvo-mcp. */

#include <errno.h>
#include <string.h>
#include <unistd.h>

static const char kAnswer[] =
    "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"capabilities\":{\"tools\":{}},"
    "\"protocolVersion\":\"2025-06-18\",\"serverInfo\":{\"name\":\"minimal\",\"version\":"
    "\"0.1.0\"}}}\n";

int main(void) {
  char chunk[4096];
  for (;;) {
    ssize_t n = read(0, chunk, sizeof chunk);
    if (n > 0 && memchr(chunk, '\n', (size_t)n) != NULL) break;
    if (n == 0 || (n < 0 && errno != EINTR)) return 1;
  }
  const char* rest = kAnswer;
  size_t left = sizeof kAnswer - 1;
  while (left > 0) {
    ssize_t n = write(1, rest, left);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return 1;
    }
    rest += n;
    left -= (size_t)n;
  }
  return 0;
}
