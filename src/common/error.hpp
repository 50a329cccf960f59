// The failure value shared by every routine: which interpreter exception to
// raise and its message. Leaf codecs return Result<T>; only the calling frame
// turns an Error into an exception object.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace vantrel {

enum class ErrorKind : std::uint8_t {
  ValueError,
  KeyError,
  NotImplementedError,
  TypeError,
  OverflowError,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
  return std::unexpected(Error{kind, std::move(message)});
}

inline std::unexpected<Error> value_error(std::string message) {
  return fail(ErrorKind::ValueError, std::move(message));
}

inline std::unexpected<Error> not_implemented(std::string message) {
  return fail(ErrorKind::NotImplementedError, std::move(message));
}

}  // namespace vantrel
