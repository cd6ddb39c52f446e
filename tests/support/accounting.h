// Resource accounting for the Windows test suites.
//
// While a test runs, the acquiring entries of the platform table (opening a
// key, a file, a find, a token, a mutex, a library; allocating a SID, a
// security descriptor or an ACL; loading a hive; enabling a privilege;
// creating an installer record) are
// wrapped so that every resource the module acquires is remembered until the
// matching release goes through the table too. The test main turns this on
// for every test and fails a test that ends with anything still held.
//
// A test that replaces an acquiring entry with its own function and still
// wants the resource counted delegates to Tracked().<entry> instead of the
// real function.
#pragma once

#include "runtime/platform.h"

#include <string>
#include <vector>

namespace ca::test {

enum class Resource {
    Key,
    File,
    Find,
    Token,
    Mutex,
    Library,
    Sid,
    SecurityDescriptor,
    Acl,
    Hive,
    Privilege,
    MsiHandle,
    kCount
};

const char* ResourceName(Resource kind);

class Accounting {
public:
    // Wraps the table's acquiring and releasing entries; clears all counts.
    static void Install();
    // Puts the entries back as they were before Install.
    static void Uninstall();
    static bool Installed();

    // How many resources of a kind were acquired / released since Install
    // (or the last Reset), and how many are held now.
    static int Acquired(Resource kind);
    static int Released(Resource kind);
    static int Held(Resource kind);
    // One line per resource still held ("key 0x0000012C", "hive HKUS\S-1-5-...").
    static std::vector<std::string> Leaks();
    // Releases, through the real functions, whatever is still held: closes
    // keys and handles, unloads hives, switches privileges off.
    static void ReleaseLeaks();
    // Forgets the counts (not what is held).
    static void ResetCounts();
};

// The table with the accounting wrappers (or the real functions when the
// accounting is off): what a test's replacement delegates to.
const Platform& Tracked();

}  // namespace ca::test
