// The two key/value records in which list results cross to the host
// application. Plain values: copy them freely from any thread. Their place at
// global scope and their field names are fixed by the interface.
#ifndef NORV_INTEROP_NATIVE_KEY_VALUE_PAIRS_H_
#define NORV_INTEROP_NATIVE_KEY_VALUE_PAIRS_H_

#include <cstdint>
#include <string>

// A service record's identifier and its numeric value.
struct NativeDoubleKeyValuePair {
  std::int32_t key = 0;
  double value = 0.0;
};

// A service record's identifier and its text: one byte per UTF-16 code unit
// of the service's text (its low 8 bits), or a date as short-date text.
struct NativeStringKeyValuePair {
  std::int32_t key = 0;
  std::string value;
};

#endif  // NORV_INTEROP_NATIVE_KEY_VALUE_PAIRS_H_
