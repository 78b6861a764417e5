#pragma once

// Counts the allocations made through operator new by the threads that switched counting on.
// The test program replaces the global operator new for this (allocation_counter.cpp), except
// in sanitizer builds, whose own operator new checks every test.
namespace allocation_counter {

bool Available();
void SetCounting(bool on);  // for the calling thread
long Count();               // since the last Reset, over all threads
void Reset();

}  // namespace allocation_counter
