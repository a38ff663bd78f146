#pragma once
// A test seam for `relay`: while set, starting the relay's second thread fails as it does when
// the system has no thread to give. The product never calls it.

namespace pelto {

void refuse_relay_threads_for_tests(bool refuse);

}  // namespace pelto
