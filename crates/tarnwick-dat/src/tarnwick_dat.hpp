// The whole public interface of the archive library in one include: the
// opened database and its records, errors and results, file types, fonts,
// the archive's location, the LRS decoder (one call or streaming) and
// whole-archive verification, content hashes, manifests and the comparison
// of two versions.
#pragma once

#include "content_hash.hpp"
#include "diff.hpp"
#include "error.hpp"
#include "file_type/font.hpp"
#include "file_type/mod.hpp"
#include "lib.hpp"
#include "lrs.hpp"
#include "manifest.hpp"
#include "record_reader.hpp"
#include "result.hpp"
#include "utils.hpp"
#include "verify.hpp"
