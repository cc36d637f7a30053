// Compression of one closed daily file by the compressor program (gzip -n,
// zstd -q), beside it, for telltrail-retention.
#pragma once

#include <string>

#include "LogFileSettings.h"

// Compresses `path` into `path` + ".gz" or ".zst": first into a ".part"
// file, which becomes the compressed file once the compressor has
// succeeded and the source is unchanged (same size and time); when the
// compressed file already exists (lines came after an earlier compression)
// the new part is appended to it (gzip and zstd read such a file as one).
// Then the source is removed. The compressed file keeps the source's time.
// False, with a message, when anything failed; the source then stays.
// `compressedSize` receives the size of the compressed day.
bool CompressDailyFile(const std::string& path, TCompressEnum how, long long& compressedSize);
