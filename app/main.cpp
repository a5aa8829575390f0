#include <iostream>
#include <new>
#include <vector>

#include "commands.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/temp_files.hpp"

namespace norvex::app {

static std::vector<CommandSetup>& setups() {
  static std::vector<CommandSetup> all;
  return all;
}

CommandRegistrar::CommandRegistrar(CommandSetup setup) {
  setups().push_back(std::move(setup));
}

int& exit_code() {
  static int code = 0;
  return code;
}

int run_guarded(const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    // Readers name the file when they can; this is the last word on what is left.
    std::cerr << "error: MemoryError: not enough memory to finish the command (a damaged "
                 "file may declare impossible sizes)\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << error_type_name(e) << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace norvex::app

int main(int argc, char** argv) {
  // An interrupted write (a large demo-data, :write) leaves no half-written file behind.
  norvex::remove_temporaries_on_signals();
  CLI::App app{"norvex: a conversational analysis assistant for single-cell RNA-seq data"};
  app.require_subcommand(1);
  for (auto& setup : norvex::app::setups()) setup(app);
  CLI11_PARSE(app, argc, argv);
  return norvex::app::exit_code();
}
