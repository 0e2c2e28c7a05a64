#pragma once
// The bridge between the core and its host interpreter: the services the core
// asks of the host (printing, number and tensor text, the accelerator's cache,
// the debugging shell) and the translation of the core's errors into host
// exceptions (common/errors.h lists the mapping).

namespace gdq {
namespace module {

// Installs the host's print, text forms, empty_cache and debugging shell as
// the core's host::Hooks.
void install_host_hooks();

// Registers the translation of core and tensor-library errors into host
// exceptions for every callable of the module.
void register_translators();

}  // namespace module
}  // namespace gdq
