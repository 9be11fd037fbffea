#pragma once
// The two encodings of external data blocks ([MS-PST] 5.1 permutative
// encoding, 5.2 cyclic encoding). Internal blocks (data trees, subnode
// trees) and pages are never encoded.

#include <cstddef>
#include <cstdint>

#include "mapi/pst/ndb/ids.h"
#include "mapi/pst/ndb/layout.h"

namespace varnolt::mapi::pst {

// NDB_CRYPT_PERMUTE: a byte substitution.
void permuteEncode(std::uint8_t* data, std::size_t size);
void permuteDecode(std::uint8_t* data, std::size_t size);

// NDB_CRYPT_CYCLIC: keyed by the low 32 bits of the block id; the same
// function encodes and decodes.
void cyclicCode(std::uint8_t* data, std::size_t size, std::uint32_t key);

// Encodes or decodes the data of an external block in place by the file's
// method. Internal blocks are left alone.
void decodeBlock(CryptMethod method, BlockId bid, std::uint8_t* data, std::size_t size);
void encodeBlock(CryptMethod method, BlockId bid, std::uint8_t* data, std::size_t size);

}  // namespace varnolt::mapi::pst
