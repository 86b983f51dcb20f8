// Runs a fuzz target over inputs given as files or built in, without libFuzzer
// (so the targets are built and exercised by every compiler and test run).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> inputs = {
      "", "direct://", "proxy:8080", "http://p:1", "socks5://127.0.0.1:1080",
      "http=a:1;https=b:2;socks=c:3", "[::1]:80", "h:99999", "X-A:v", "X A:v", "X-A:a\r\nb",
      std::string("X-A:a\0b", 7), ":", ";;;", "http=", "\xff\xfe", "a,b,c,direct://"};
  for (int i = 1; i < argc; ++i) {
    std::ifstream f(argv[i], std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    inputs.push_back(ss.str());
  }
  // Plus every byte-level mutation of the built-in seeds: cheap, deterministic.
  std::vector<std::string> seeds = inputs;
  for (const std::string& s : seeds)
    for (size_t i = 0; i < s.size(); ++i)
      for (int b : std::initializer_list<int>{0, '\r', '\n', ' ', ':', ';', '=', ',', '[', ']', '/', 0x80, 0xff}) {
        std::string m = s;
        m[i] = static_cast<char>(b);
        inputs.push_back(m);
      }
  for (const std::string& in : inputs)
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  std::printf("%zu inputs\n", inputs.size());
  return 0;
}
