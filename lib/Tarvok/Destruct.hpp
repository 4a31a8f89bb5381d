// Tarvok::Destruct: tells whether the process is in its final teardown.
//
// The teardown begins when exit() begins: after main returned (also when an exit request or an
// uncaught failure ended the run through Tarvok::Process::run) or when something called exit()
// directly. From then on objects with static storage are destroyed and atexit handlers run; an
// object that asks from its destructor then hears true, while every question during the run
// hears false. Objects that own files ask before removing anything, so that whatever survives
// into the teardown is left alone.
//
//     TempFile::~TempFile() {
//         if (!Tarvok::Destruct::in_dangerous_global_destruction()) cleanup();
//     }
//
// The answer is latched: once true, always true.
#pragma once

#include <string_view>

namespace Tarvok::Destruct {

/// True once the final teardown has begun.
bool in_global_destruction();

/// True in the final teardown of a real program run: false whenever a test harness is loaded.
bool in_dangerous_global_destruction();

/// The process's phase: "RUN", or "DESTRUCT" once exit() has begun.
std::string_view global_phase();

/// Declares that a test harness is loaded into the process (the test binary does this once at
/// start-up; a test may clear it in a forked child to see a program's answers).
void set_test_harness_loaded(bool loaded);

}  // namespace Tarvok::Destruct
