#include "support/test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

namespace norvex::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  path_ =
      fs::temp_directory_path() / ("norvex-test-" + std::to_string(getpid()) + "-" +
                                   std::to_string(counter++) + "-" + std::to_string(rd() % 100000));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string read_file(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

CommandResult run_command(const std::string& command, const std::string& input,
                          int timeout_seconds) {
  TempDir tmp;
  fs::path in = tmp / "stdin", out = tmp / "stdout", err = tmp / "stderr";
  write_file(in, input);
  std::string full = "timeout -k 5 " + std::to_string(timeout_seconds) + " sh -c " +
                     shell_quote(command) + " <" + shell_quote(in.string()) + " >" +
                     shell_quote(out.string()) + " 2>" + shell_quote(err.string());
  int status = std::system(full.c_str());
  CommandResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

bool oracle_python_available() {
  static int available = -1;
  if (available < 0) {
    available =
        run_command(std::string(NORVEX_ORACLE_PYTHON) + " -c 'import anndata, h5py, pandas'", "",
                    60)
            .exit_code == 0;
  }
  return available == 1;
}

CommandResult run_oracle_python(const std::string& script, const std::string& args,
                                int timeout_seconds) {
  TempDir tmp;
  fs::path py = tmp / "oracle.py";
  write_file(py, script);
  return run_command(
      std::string(NORVEX_ORACLE_PYTHON) + " " + shell_quote(py.string()) + " " + args, "",
      timeout_seconds);
}

fs::path shared_data_dir() {
  fs::path p = fs::path(NORVEX_SHARED_DATA);
  std::error_code ec;
  return fs::is_directory(p, ec) ? fs::weakly_canonical(p) : fs::path();
}

fs::path norvex_binary() {
  return fs::path(NORVEX_BIN);
}
fs::path source_dir() {
  return fs::path(NORVEX_SOURCE_DIR);
}

}  // namespace norvex::testing
