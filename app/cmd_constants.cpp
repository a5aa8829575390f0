// `norvex constants` lists the prompt texts and schemas sent to the models;
// `norvex constants NAME` prints one of them exactly.
#include <iostream>

#include "commands.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::app {
namespace {

const CommandRegistrar constants([](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "constants",
      "List the prompt texts and JSON schemas sent to the models, or print one of them.\n"
      "A text is printed byte for byte, with no line break added (so `norvex constants NAME > "
      "file` holds exactly the constant); a schema as JSON indented by two spaces, non-ASCII "
      "characters as they are, followed by one line break.");
  auto name = std::make_shared<std::string>();
  cmd->add_option("name", *name, "a constant name (as listed)");
  cmd->callback([name] {
    exit_code() = run_guarded([&] {
      if (name->empty()) {
        for (const auto& c : prompts::module_constants()) std::cout << c.name << "\n";
        return 0;
      }
      for (const auto& c : prompts::module_constants()) {
        if (c.name != *name) continue;
        if (c.value.is_string()) {
          std::cout << c.value.get<std::string>();
        } else {
          std::cout << dump_json(c.value, 2) << "\n";
        }
        std::cout.flush();
        return 0;
      }
      throw KeyError("unknown constant '" + *name + "'; `norvex constants` lists the names");
    });
  });
});

}  // namespace
}  // namespace norvex::app
