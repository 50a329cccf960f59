// The one way vantrel lets other threads run: a scope without the global
// interpreter lock, which takes the lock back however the scope is left,
// by return or by exception. Code inside touches no interpreter object and
// calls no interpreter API: plain loops over memory that the call already
// holds (a borrowed buffer, a new array or str not yet returned).
#pragma once

#include <utility>

#include "binding/py_ref.hpp"

namespace vantrel {

class GilReleased {
 public:
  GilReleased() : thread_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(thread_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* thread_;
};

// Runs `work` without the lock and returns what it returns.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  GilReleased released;
  return std::forward<Work>(work)();
}

}  // namespace vantrel
