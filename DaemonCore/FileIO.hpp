// The POSIX file primitives shared by the two atomic writers and the stores.
// Every failure is a SystemError naming the operation and the path. Every
// descriptor is opened close-on-exec, so no child process inherits one.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "HushwallCore/Error.hpp"

namespace hushwall::FileIO {

// The directory that holds `path`: "/" for "/x", "." for a bare name.
[[nodiscard]] std::string parentDirectory(std::string_view path);
// The last path component.
[[nodiscard]] std::string_view lastComponent(std::string_view path);

// Whether anything (file, directory, even a dangling symbolic link) is at `path`.
[[nodiscard]] bool itemExists(const std::string& path);

// The whole file. Fails with the error of the open or read that failed.
[[nodiscard]] Result<std::string> readWholeFile(const std::string& path);

// Creates an empty regular file, or empties an existing one, without following
// a symbolic link at `path`. With `exactMode` the file ends with exactly `mode`,
// whatever the umask; a file this call created is removed again if that fails.
[[nodiscard]] Result<void> createEmptyFile(const std::string& path, mode_t mode, bool exactMode);

// Opens the existing file, writes all of `bytes`, fsyncs and closes it. A
// failure at any of those steps is returned; the file may then hold a prefix.
[[nodiscard]] Result<void> writeAndSync(const std::string& path, std::string_view bytes);

// rename(2); 0 on success, otherwise the errno read right after the call.
[[nodiscard]] int renameGivingErrno(const std::string& from, const std::string& to);

// unlink(2), reporting the failure.
[[nodiscard]] Result<void> removeItem(const std::string& path);

// unlink(2) for a clean-up whose failure changes nothing for the caller.
void removeIgnoringErrors(const std::string& path);

// Opens the directory read-only and fsyncs it; does nothing if it cannot be opened.
void syncDirectory(const std::string& path);

}  // namespace hushwall::FileIO
