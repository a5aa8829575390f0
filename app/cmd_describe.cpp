// `norvex describe FILE` prints the data context; `norvex inspect FILE` the file's structure.
#include <iostream>

#include "commands.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/data_context.hpp"

namespace norvex::app {
namespace {

// Opens a dataset the way the assistant does, with text and unique names.
std::shared_ptr<AnnData> open_dataset(const std::string& path) {
  auto adata = AnnData::read_h5ad(path);
  adata->obs_names_make_unique();
  adata->var_names_make_unique();
  return adata;
}

const CommandRegistrar describe([](CLI::App& app) {
  auto* cmd = app.add_subcommand("describe", "Print the data context the model sees for a dataset");
  auto path = std::make_shared<std::string>();
  cmd->add_option("file", *path, "an .h5ad dataset")->required();
  cmd->callback([path] {
    exit_code() = run_guarded([&] {
      std::cout << get_data_context(*open_dataset(*path)) << std::endl;
      return 0;
    });
  });
});

const CommandRegistrar inspect([](CLI::App& app) {
  auto* cmd = app.add_subcommand("inspect", "Print the structure of any readable .h5ad file");
  auto path = std::make_shared<std::string>();
  cmd->add_option("file", *path, "an .h5ad file")->required();
  cmd->callback([path] {
    exit_code() = run_guarded([&] {
      std::cout << describe_structure(*AnnData::read_h5ad(*path)) << std::endl;
      return 0;
    });
  });
});

}  // namespace
}  // namespace norvex::app
