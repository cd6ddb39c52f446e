// A recursive lock owned by an object, and its scope guard. Both go through
// the platform table like every other system call of the module.
#pragma once

#include "runtime/platform.h"

namespace ca {

class CriticalSection {
public:
    CriticalSection() { Os().InitializeCriticalSection(&section_); }
    ~CriticalSection() { Os().DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { Os().EnterCriticalSection(&section_); }
    void Leave() { Os().LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class SectionGuard {
public:
    explicit SectionGuard(CriticalSection& section) : section_(section) { section_.Enter(); }
    ~SectionGuard() { section_.Leave(); }
    SectionGuard(const SectionGuard&) = delete;
    SectionGuard& operator=(const SectionGuard&) = delete;

private:
    CriticalSection& section_;
};

}  // namespace ca
