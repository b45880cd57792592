#pragma once
// The test process's own threads, as the system counts them.
namespace testing_support {

long thread_count();

}  // namespace testing_support
