#pragma once
// A test seam for HTTPS requests on Linux: adds one PEM certificate to the roots `https_get`
// trusts, on top of the system's store (which stays in force, as do the name and validity
// checks). Tests use it to trust the CA they make; the product never calls it. An empty text
// removes the extra root. Windows tests install their CA in the Wine prefix's root store instead.

#include <string>

namespace pelto {

void trust_extra_root_for_tests(std::string pem);

}  // namespace pelto
