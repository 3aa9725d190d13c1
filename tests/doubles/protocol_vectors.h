// The device protocol bytes of tests/protocol_vectors.txt, the one table the native tests and
// the device simulators share. A name that is not there fails the test that asked for it.
#pragma once

#include <string>

#include "common/text.h"

namespace ordane::test {

Bytes Vector(const std::string& name);

}  // namespace ordane::test
