#pragma once
// The C library's allocator, tuned for how the program uses memory.
//
// A message read from a PST is hundreds of small objects (properties,
// their values, table rows) that are freed together when the next message
// comes. glibc keeps only seven freed blocks of each size at hand per
// thread; the rest go to lists that every larger request (a block of the
// file, an attachment's bytes) first merges, so most small requests then
// take the slow path. A longer per-thread cache took a third off the CPU
// time of a compression run. glibc reads that setting only from the
// environment at start, so the program starts itself again once with it.

namespace varnolt::base {

// Call first thing in main, before any thread, output or open file. On
// glibc, when the program was not started with a setting of its own for
// the cache, execs the same program with the same arguments and the
// setting added to GLIBC_TUNABLES; returns when it runs as it is (already
// tuned, not glibc, allocating through mimalloc, or the exec failed).
void TuneAllocator(char** argv);

}  // namespace varnolt::base
