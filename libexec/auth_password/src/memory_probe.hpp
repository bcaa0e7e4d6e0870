#pragma once

// A test-only hook, compiled into auth_password_memory_probe and never into
// the installed program: when the process exits (a return from main or an
// exit() anywhere), it searches every readable mapping of its own memory for
// given byte strings and reports what it finds on standard output.
//
//   AUTH_MEMORY_PROBE_PATTERNS  "name:hex,name:hex,...": what to look for.
//   AUTH_MEMORY_PROBE_PLANT     the name of one pattern to leave copies of in
//                               secret memory, on the heap, in static data and
//                               in a dead stack frame, to show that the search
//                               finds them.
//
// Report lines: "memory-probe: found NAME at 0xADDRESS in REGION" for every
// occurrence, then "memory-probe: N hits in M bytes" (or "memory-probe:
// error: ..." when the search could not be made).

namespace auth_password::memory_probe {

// Reads the environment and registers the search with atexit. Called first
// thing in main, after the process set-up.
void install();

}  // namespace auth_password::memory_probe
