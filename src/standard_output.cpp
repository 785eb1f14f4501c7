#include "standard_output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "failure.hpp"

namespace brivane {

void print_line(std::string_view line) {
  static std::mutex stdout_mutex;
  std::lock_guard<std::mutex> lock(stdout_mutex);
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, line.data() + written, line.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      throw Failure("failed printing to stdout: " + std::string(std::strerror(error)) + " (os error " +
                    std::to_string(error) + ")");
    }
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace brivane
