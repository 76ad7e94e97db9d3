#pragma once
// How many times the process has been made again by fork() since count_forks() was called.
//
// A child process has one thread: the one that called fork(). State that another thread of the
// parent held (an instance borrowed by a call that was running there) is held by no one in the
// child, and nothing will ever give it back. Recording the generation beside such state tells
// the child that its holder is gone, so that it can refuse at once instead of waiting forever.
// Systems without fork() stay at generation 0.

namespace kestrin {

// Starts counting; called once, as the module is imported, before any thread of it can hold
// state. Not at the first question: a fork() racing that first question on another thread
// would copy an initialisation in progress, and the child's first question would wait for it
// for ever.
void count_forks() noexcept;

unsigned fork_generation() noexcept;

}  // namespace kestrin
