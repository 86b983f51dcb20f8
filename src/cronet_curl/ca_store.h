// Where the system's trusted certificate authorities are, found at run time so
// that the library works on distributions other than the one that built it.
#pragma once

#include <string>

namespace cronet_curl {

struct CaStore {
  std::string file;  // a PEM bundle, or empty
  std::string dir;   // a hashed certificate directory, used when no bundle is found
};

// The first bundle of the usual Linux layouts that exists, else the first
// certificate directory; looked up once per process.
const CaStore& system_ca_store();

}  // namespace cronet_curl
