// "Nothing left behind": the threads and open descriptors of this process, taken as a baseline and
// compared again after the code under test has had its chance to leak.
//
// A joined thread leaves /proc/self/task a little after pthread_join returns, and a descriptor
// closed by another thread may be counted a moment longer, so the check waits, bounded, for the
// counts to come back before it fails; a real leak never comes back and is named in the failure.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

class TLeakBaseline {
public:
    TLeakBaseline();
    // Success once there are no more threads and descriptors than at construction, within
    // Milliseconds; otherwise a failure naming every thread (its comm) and descriptor (its target)
    // that was not there at construction.
    ::testing::AssertionResult NothingLeftBehind(int Milliseconds = 2000) const;

private:
    std::vector<std::string> FThreads, FDescriptors;
};
