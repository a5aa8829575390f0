#pragma once
// Half-written dataset files. Writing goes to a hidden temporary beside the target that
// is renamed into place when complete; these keep an interruption from leaving one behind
// (a large dataset's is gigabytes).
#include <cstdint>
#include <filesystem>
#include <functional>

namespace norvex {

// On SIGINT or SIGTERM, removes the temporaries being written, then ends the process as
// the signal would have. Installed once by the program.
void remove_temporaries_on_signals();

// Removes this program's temporaries for `target` left by processes that no longer run
// (a kill -9, a power cut), so they do not pile up in the folder.
void sweep_stale_temporaries(const std::filesystem::path& target);

// Bytes this process may still write into the folder `dir` (unlimited when that cannot
// be told: an unknown answer never blocks a write).
std::uintmax_t free_space(const std::filesystem::path& dir);

namespace detail {
// Replaces how free_space() asks (tests act out a nearly full disk); empty: the real one.
void set_free_space_probe(std::function<std::uintmax_t(const std::filesystem::path&)> probe);
// The temporary's path is registered while it is written; unregistered when renamed or
// removed.
int register_temporary(const std::filesystem::path& tmp);
void unregister_temporary(int slot);
}  // namespace detail

}  // namespace norvex
