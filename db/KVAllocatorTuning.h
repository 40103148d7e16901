#pragma once
// Process-wide settings of the C library's allocator for database work, made when the ODBC environment first
// activates.
//
// KVTuneAllocator(): idempotent and thread-safe; does nothing where the environment already names the
// allocator's trim or mmap threshold (GLIBC_TUNABLES, MALLOC_TRIM_THRESHOLD_, MALLOC_MMAP_THRESHOLD_), so
// that a user's own setting wins. Changes no result, only when freed memory goes back to the system:
//  - a thread's heap is trimmed only when 16 MiB or more lie free at its top. The SQLite library frees the
//    program of every statement it runs (the driver prepares at every execute); on the batch writer's
//    thread each free shrank that thread's heap with madvise, whose TLB shootdowns took a fifth of an upsert
//    into SQLite;
//  - blocks up to 4 MiB come from the heap instead of a mapping of their own (fixing the trim threshold
//    stops the library from raising this threshold by itself).
// Returns whether the settings were made.
bool KVTuneAllocator();
