#include "ca_store.h"

#include <sys/stat.h>

namespace cronet_curl {
namespace {

bool is_non_empty_file(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

bool is_dir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

CaStore find() {
  static const char* const kBundles[] = {
      "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Gentoo, Arch
      "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL
      "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // Fedora, RHEL (extracted)
      "/etc/ssl/cert.pem",                                  // Alpine, Arch
      "/etc/ssl/ca-bundle.pem",                             // SUSE
      "/etc/pki/tls/cacert.pem",                            // older RHEL
  };
  static const char* const kDirs[] = {"/etc/ssl/certs", "/etc/pki/tls/certs",
                                      "/var/lib/ca-certificates/pem"};
  CaStore s;
  for (const char* f : kBundles)
    if (is_non_empty_file(f)) {
      s.file = f;
      return s;
    }
  for (const char* d : kDirs)
    if (is_dir(d)) {
      s.dir = d;
      return s;
    }
  return s;
}

}  // namespace

const CaStore& system_ca_store() {
  static const CaStore store = find();
  return store;
}

}  // namespace cronet_curl
