// The whole public interface of the archive library in one include: the
// opened database and its records, reading a file in pieces, errors and
// results, file types, fonts, the archive's location, the LRS decoder (one
// call or streaming), the blocks a pass over many files shares, whole-archive
// verification and its work budget,
// content hashes, manifests and the comparison of two versions.
#pragma once

#include "budget.hpp"
#include "content_hash.hpp"
#include "diff.hpp"
#include "error.hpp"
#include "file_reader.hpp"
#include "file_type/font.hpp"
#include "file_type/mod.hpp"
#include "lib.hpp"
#include "lrs.hpp"
#include "manifest.hpp"
#include "record_reader.hpp"
#include "result.hpp"
#include "shared_blocks.hpp"
#include "utils.hpp"
#include "verify.hpp"
