#pragma once

// USB identifiers of the switch, the only place they are written down. Plain constants without
// Qt, so that the virtual switch's kernel device reads them too.
namespace KV830
{
constexpr unsigned short VendorId = 0x1209;
constexpr unsigned short ProductId = 0x0830;
} // namespace KV830
