// The module as the host sees it: descriptor, lifecycle entries and console command.
#pragma once

#include "hvn_cli.h"
#include "hvn_module.h"

namespace tarnel_module {

int load_module() noexcept;
int reload_module() noexcept;
int unload_module() noexcept;

char* handle_g729_show_version(hvn_cli_entry* e, int cmd, hvn_cli_args* a) noexcept;

}  // namespace tarnel_module
