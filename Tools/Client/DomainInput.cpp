#include "Tools/Client/DomainInput.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HushwallCore/Strings.hpp"

namespace hushwall::DomainInput {

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inComment = false;
  auto finish = [&] {
    if (!word.empty()) words.push_back(std::move(word));
    word.clear();
  };
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      inComment = false;
      finish();
    } else if (inComment) {
      continue;
    } else if (c == '#') {
      inComment = true;
      finish();
    } else if (c == ' ' || c == '\t' || c == ',' || c == '\v' || c == '\f') {
      finish();
    } else {
      word += c;
    }
  }
  finish();
  return words;
}

std::expected<std::string, Failure> readInput(const std::string& path) {
  bool isStdin = path == "-";
  std::string shown = isStdin ? "standard input" : path;
  int fd = isStdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(Failure::usage(cat("cannot read ", shown, ": ", std::strerror(errno))));
  std::string content;
  char buffer[65536];
  int error = 0;
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > maxInputSize) break;
  }
  if (!isStdin) close(fd);
  if (error != 0) return std::unexpected(Failure::usage(cat("cannot read ", shown, ": ", std::strerror(error))));
  if (content.size() > maxInputSize) {
    return std::unexpected(Failure::usage(cat(shown, " is larger than ", maxInputSize, " bytes")));
  }
  return content;
}

std::expected<std::vector<std::string>, Failure> gather(const std::vector<std::string>& words,
                                                        const std::vector<std::string>& files) {
  std::vector<std::string> domains;
  for (const std::string& word : words) {
    for (std::string& domain : split(word)) domains.push_back(std::move(domain));
  }
  for (const std::string& file : files) {
    auto content = readInput(file);
    if (!content) return std::unexpected(content.error());
    for (std::string& domain : split(*content)) domains.push_back(std::move(domain));
  }
  if (domains.empty()) return std::unexpected(Failure::usage("no domains given"));
  return domains;
}

}  // namespace hushwall::DomainInput
