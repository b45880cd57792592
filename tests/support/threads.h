#pragma once
// The test process's own threads and handles, as the system sees them.
namespace testing_support {

long thread_count();

// Opens a descriptor (a handle on Windows, to a file named "p11agent-planted-<id>") that
// children started with inheritance would inherit, as a caller's redirected standard
// streams are; its number.
unsigned long long plant_inheritable_handle();

}  // namespace testing_support
