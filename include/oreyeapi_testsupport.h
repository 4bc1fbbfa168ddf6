// Test support of the camera access library: replace the factory behind CreateOrEyeApi, and
// reach the virtual cameras of this process (bookkeeping, fault injection). Not for
// applications.
#ifndef OREYEAPI_TESTSUPPORT_H
#define OREYEAPI_TESTSUPPORT_H

#include <functional>

#include "oreyeapi.h"

namespace OrEyeTest {
// While set, CreateOrEyeApi answers factory(type) instead of its own objects. An empty
// function restores the library's own factory.
typedef std::function<IOrEyeCamera*(OREYEAPI_TYPE)> Factory;
OREYE_API void SetFactory(const Factory& factory);
}  // namespace OrEyeTest

#endif
