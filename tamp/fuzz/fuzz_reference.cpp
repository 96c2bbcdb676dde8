// The exhaustive encoder for the fuzz harness, built without the fuzzer's
// instrumentation: it is the reference, not the code under test, and
// instrumented it would take nearly all of the harness's time.

#include "plain_yaz0.h"

std::vector<unsigned char> referenceEncode(const unsigned char* src, int size) {
  return plain::encode(src, size);
}
