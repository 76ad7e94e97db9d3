#pragma once
// How many times the process has been made again by fork() since the module first asked.
//
// A child process has one thread: the one that called fork(). State that another thread of the
// parent held (an instance borrowed by a call that was running there) is held by no one in the
// child, and nothing will ever give it back. Recording the generation beside such state tells
// the child that its holder is gone, so that it can refuse at once instead of waiting forever.
// Systems without fork() stay at generation 0.

namespace kestrin {

unsigned fork_generation() noexcept;

}  // namespace kestrin
