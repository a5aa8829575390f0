// `norvex demo-data OUT.h5ad [--cells N] [--genes G] [--seed S]`: writes the demonstration
// dataset, streaming X so that a million cells fit in bounded memory.
#include <chrono>

#include <fmt/format.h>

#include "commands.hpp"
#include "norvex/demo/demo_data.hpp"
#include "norvex/host/host.hpp"

namespace norvex::app {
namespace {

struct DemoArgs {
  std::string out;
  DemoDataOptions options;
};

const CommandRegistrar demo_data([](CLI::App& app) {
  auto* cmd = app.add_subcommand("demo-data", "Write a realistic demonstration dataset (.h5ad)");
  auto args = std::make_shared<DemoArgs>();
  cmd->add_option("out", args->out, "the .h5ad file to write")->required();
  cmd->add_option("--cells", args->options.n_cells, "number of cells")->capture_default_str();
  cmd->add_option("--genes", args->options.n_genes, "number of genes")->capture_default_str();
  cmd->add_option("--seed", args->options.seed, "random seed (same seed, same dataset)")
      ->capture_default_str();
  cmd->callback([args] {
    exit_code() = run_guarded([&] {
      const auto start = std::chrono::steady_clock::now();
      auto& host = terminal_host();
      const DemoWriteSummary s = write_demo_data(
          args->out, args->options, [&](const std::string& step) { host.print("… " + step); });
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      host.print(fmt::format("✅ Wrote {}: {} cells × {} genes, {} non-zeros ({:.2f} s)", args->out,
                             s.n_cells, s.n_genes, s.nnz, seconds));
      return 0;
    });
  });
});

}  // namespace
}  // namespace norvex::app
