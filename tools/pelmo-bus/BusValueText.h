// Typed values as command-line text, both ways:
//   i1: ui1: i2: ui2: i4: ui4: i8: ui8: int: uint: cy: error:   integers   i4:5  error:0x80004005
//   r4: r8:                                           numbers           r8:2.5  r8:nan
//   bool:true|false   s:TEXT   empty   null           (s: takes the rest of the argument as UTF-8)
//   date:2026-12-06T10:30:00   (UTC)  or  date:46362.4375  (days since 1899-12-30)
//   bytes:0a0b0c               a byte array, in hex
//   json:{"vt":"ARRAY|VARIANT","v":[...]}   any value in the bus's wire format
// Output uses the same forms; arrays print as [a, b, ...] and typed arrays as i4[1, 2].
#pragma once

#include <string>

#include "platform/com/Variant.h"

class BusValueText {
public:
    // False with the reason in why when the text is not a typed value.
    static bool parse(const std::string& text, VARIANT* out, std::string& why);
    static std::string format(const VARIANT& value);
};
