// A stage's files read by several readers at once, on as many threads.
//
// On a stage of many small files the time is the kernel's work for each file (the path lookup
// of the open, the copy of the bytes, the close), done on the thread that asks for it. Here the
// names of a request are cut into blocks of consecutive files; the threads take blocks in turn,
// each through a reader of its own (its own ring, or the classic loop) that hashes what it reads
// on its own thread, and the results are given block by block, in request order, on the calling
// thread: warnings and certificates are those of one reader. A request of fewer files than two
// blocks is read by one reader, which hashes beside itself and hashes large files side by side.
#pragma once

#include <memory>

#include "core/evidence/artifact_reader.h"

namespace certwright {

// A reader of the wanted engine that splits requests between `threads` threads (two or more).
std::unique_ptr<ArtifactReader> split_reader(IoEngine wanted, unsigned threads);

}  // namespace certwright
