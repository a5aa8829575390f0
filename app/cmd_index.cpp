// `norvex index FILE` writes the gene-major index of a dataset into the cache folder.
#include <iostream>

#include "commands.hpp"
#include "index_offer.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/host/console_host.hpp"

namespace norvex::app {
namespace {

const CommandRegistrar index_command([](CLI::App& app) {
  auto* cmd = app.add_subcommand("index",
                                 "Write a gene-major copy of a dataset's X (and raw X) into the "
                                 "cache folder, so that gene reads need not scan the matrix");
  auto path = std::make_shared<std::string>();
  cmd->add_option("file", *path, "an .h5ad dataset")->required();
  cmd->callback([path] {
    exit_code() = run_guarded([&] {
      ConsoleHost host(std::cout, std::cerr);
      build_index_with_progress(*AnnData::read_h5ad(*path), host);
      return 0;
    });
  });
});

}  // namespace
}  // namespace norvex::app
