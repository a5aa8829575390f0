#pragma once
// Fixtures shared by all test areas.
#include <filesystem>
#include <string>

namespace norvex::testing {

// A fresh temporary folder, removed with its contents at scope exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int exit_code = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs a shell command with a time limit (seconds); stdin from `input`.
CommandResult run_command(const std::string& command, const std::string& input = "",
                          int timeout_seconds = 120);

// Debian's Python with anndata, h5py, pandas, python-docx, openpyxl (the independent oracle).
bool oracle_python_available();
// Runs `script` with the oracle Python; arguments are passed as sys.argv[1:].
CommandResult run_oracle_python(const std::string& script, const std::string& args = "",
                                int timeout_seconds = 300);

// ../shared/data beside the checkout, or empty when absent.
std::filesystem::path shared_data_dir();
std::filesystem::path norvex_binary();
std::filesystem::path source_dir();

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Single-quotes a string for the shell.
std::string shell_quote(const std::string& text);

}  // namespace norvex::testing
