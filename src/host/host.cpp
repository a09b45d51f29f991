// The module side of the host library: loading the plug-in, the broker's
// register and unregister functions, and lookups by registered name.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "host/host_internal.h"

namespace orv::host {

const char* const stream_token_names[token_count] = {
    "Input bit rate",      "Input sample rate",
    "Input sample width",  "Input channels",
    "Output bit rate",     "Output sample rate",
    "Output sample width", "Output channels",
    "Output reservoir",    "Position",
    "Exact seek",          "Exact get position",
    "Seek table lookup",   "Set Looping Samples",
};

void set_error(char* error, size_t error_size, const char* format, ...) {
  if (error == nullptr || error_size == 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(error, error_size, format, args);
  va_end(args);
}

}  // namespace orv::host

namespace {

using orv::host::KeptRegistration;
using orv::host::set_error;

// A register call's entry count above this is taken as garbage.
constexpr int32_t max_entries_per_call = 4096;

int32_t ORV_CALL broker_register(uintptr_t handle, const char* interface_name,
                                 int32_t entry_count,
                                 const RegistrationEntry* entries) {
  auto* host = reinterpret_cast<VelkHost*>(handle);
  if (host == nullptr || entry_count < 0 ||
      entry_count > max_entries_per_call ||
      (entry_count > 0 && entries == nullptr)) {
    return 0;
  }
  // Called from the module's code: nothing may be thrown through it.
  try {
    KeptRegistration kept;
    kept.interface_name = interface_name != nullptr ? interface_name : "";
    kept.entries.assign(entries, entries + entry_count);
    kept.names.reserve(static_cast<size_t>(entry_count));
    for (const RegistrationEntry& entry : kept.entries) {
      kept.names.emplace_back(entry.name != nullptr ? entry.name : "");
    }
    host->registrations.push_back(std::move(kept));
  } catch (...) {
    return 0;
  }
  return 1;
}

int32_t ORV_CALL broker_unregister(uintptr_t, const char*, int32_t,
                                   const RegistrationEntry*) {
  return 1;
}

// Finds the kept entry; its name is compared through our own copy.
const RegistrationEntry* find_entry(const VelkHost& host,
                                    const char* interface_name,
                                    const char* entry_name, uint32_t kind) {
  for (const KeptRegistration& kept : host.registrations) {
    if (kept.interface_name != interface_name) continue;
    for (size_t i = 0; i < kept.entries.size(); ++i) {
      if (kept.entries[i].kind == kind && kept.names[i] == entry_name) {
        return &kept.entries[i];
      }
    }
  }
  return nullptr;
}

template <typename Function>
bool resolve(const VelkHost& host, const char* interface_name, const char* name,
             Function& out) {
  const RegistrationEntry* entry =
      find_entry(host, interface_name, name, ORV_ENTRY_FUNCTION);
  if (entry == nullptr || entry->value == 0) return false;
  out = reinterpret_cast<Function>(static_cast<uintptr_t>(entry->value));
  return true;
}

bool resolve_functions(VelkHost& host, char* error, size_t error_size) {
  // The first function not found, if any; later ones are not looked up.
  const char* missing_interface = nullptr;
  const char* missing_name = nullptr;
  auto want = [&](const char* interface_name, const char* name, auto& out) {
    if (missing_name == nullptr && !resolve(host, interface_name, name, out)) {
      missing_interface = interface_name;
      missing_name = name;
    }
  };
  VelkHostFunctions& f = host.functions;
  want("ORV codec", "PROVIDER_property", f.provider_property);
  want("ORV codec", "ORV_startup", f.startup);
  want("ORV codec", "ORV_error", f.error);
  want("ORV codec", "ORV_shutdown", f.shutdown);
  want("ORV stream", "ORV_stream_open", f.stream_open);
  want("ORV stream", "ORV_stream_process", f.stream_process);
  want("ORV stream", "ORV_stream_property", f.stream_property);
  want("ORV stream", "ORV_stream_seek", f.stream_seek);
  want("ORV stream", "ORV_stream_close", f.stream_close);
  if (missing_name != nullptr) {
    set_error(error, error_size,
              "the plug-in does not register function %s in \"%s\"",
              missing_name, missing_interface);
    return false;
  }
  for (uint32_t i = 0; i < orv::host::token_count; ++i) {
    const RegistrationEntry* entry =
        find_entry(host, "ORV stream", orv::host::stream_token_names[i],
                   ORV_ENTRY_PROPERTY);
    if (entry != nullptr) {
      host.tokens.value[i] = entry->value;
      host.tokens.present[i] = true;
    }
  }
  return true;
}

}  // namespace

extern "C" {

VelkHost* velk_host_load(const char* plugin_path, char* error,
                         size_t error_size) noexcept {
  set_error(error, error_size, "%s", "");
  if (plugin_path == nullptr || plugin_path[0] == '\0') {
    set_error(error, error_size, "no plug-in path given");
    return nullptr;
  }
  void* module = dlopen(plugin_path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    set_error(error, error_size, "cannot load plug-in: %s",
              why != nullptr ? why : plugin_path);
    return nullptr;
  }
  void* symbol = dlsym(module, "TAVO_Main");
  if (symbol == nullptr) {
    set_error(error, error_size, "'%s' has no TAVO_Main: not a plug-in",
              plugin_path);
    dlclose(module);
    return nullptr;
  }
  auto* host = new (std::nothrow) VelkHost;
  if (host == nullptr) {
    set_error(error, error_size, "out of memory");
    dlclose(module);
    return nullptr;
  }
  host->module = module;
  host->main = reinterpret_cast<TAVO_Main_fn>(symbol);
  host->main(reinterpret_cast<uintptr_t>(host), 1, nullptr, broker_register,
             broker_unregister);
  if (!resolve_functions(*host, error, error_size)) {
    host->main(reinterpret_cast<uintptr_t>(host), 0, nullptr, broker_register,
               broker_unregister);
    dlclose(module);
    delete host;
    return nullptr;
  }
  host->functions.startup();
  return host;
}

void velk_host_unload(VelkHost* host) noexcept {
  if (host == nullptr) return;
  host->functions.shutdown();
  host->main(reinterpret_cast<uintptr_t>(host), 0, nullptr, broker_register,
             broker_unregister);
  dlclose(host->module);
  delete host;
}

}  // extern "C"

namespace {

// Modules loaded through velk_host_acquire, at most one per path. Load and
// unload happen under the lock, so two threads asking for the same path at
// once get one module.
std::mutex shared_hosts_lock;
std::deque<VelkHost*> shared_hosts;

}  // namespace

extern "C" {

VelkHost* velk_host_acquire(const char* plugin_path, char* error,
                            size_t error_size) noexcept {
  set_error(error, error_size, "%s", "");
  if (plugin_path == nullptr) plugin_path = "";
  try {
    const std::lock_guard<std::mutex> hold(shared_hosts_lock);
    for (VelkHost* host : shared_hosts) {
      if (host->shared_path == plugin_path) {
        ++host->shared_users;
        return host;
      }
    }
    VelkHost* host = velk_host_load(plugin_path, error, error_size);
    if (host == nullptr) return nullptr;
    try {
      host->shared_path = plugin_path;
      shared_hosts.push_back(host);
    } catch (...) {
      velk_host_unload(host);
      throw;
    }
    host->shared_users = 1;
    return host;
  } catch (...) {
    set_error(error, error_size, "out of memory");
    return nullptr;
  }
}

void velk_host_release(VelkHost* host) noexcept {
  if (host == nullptr) return;
  const std::lock_guard<std::mutex> hold(shared_hosts_lock);
  for (auto it = shared_hosts.begin(); it != shared_hosts.end(); ++it) {
    if (*it != host) continue;
    if (--host->shared_users == 0) {
      shared_hosts.erase(it);
      velk_host_unload(host);
    }
    return;
  }
}

size_t velk_host_registration_count(const VelkHost* host) noexcept {
  return host->registrations.size();
}

int velk_host_registration(const VelkHost* host, size_t index,
                           VelkHostRegistration* out) noexcept {
  if (index >= host->registrations.size() || out == nullptr) return 0;
  const KeptRegistration& kept = host->registrations[index];
  out->interface_name = kept.interface_name.c_str();
  out->entry_count = static_cast<int32_t>(kept.entries.size());
  out->entries = kept.entries.data();
  return 1;
}

const RegistrationEntry* velk_host_find_entry(const VelkHost* host,
                                              const char* interface_name,
                                              const char* entry_name) noexcept {
  if (interface_name == nullptr || entry_name == nullptr) return nullptr;
  const RegistrationEntry* entry =
      find_entry(*host, interface_name, entry_name, ORV_ENTRY_FUNCTION);
  if (entry == nullptr) {
    entry = find_entry(*host, interface_name, entry_name, ORV_ENTRY_PROPERTY);
  }
  return entry;
}

const VelkHostFunctions* velk_host_functions(const VelkHost* host) noexcept {
  return &host->functions;
}

int32_t velk_host_provider_property(const VelkHost* host, const char* name,
                                    void* value, const void* new_value,
                                    void* result) noexcept {
  if (name == nullptr) return 0;
  const RegistrationEntry* entry =
      find_entry(*host, "ORV codec", name, ORV_ENTRY_PROPERTY);
  if (entry == nullptr) return 0;
  return host->functions.provider_property(entry->value, value, new_value,
                                           result);
}

const char* velk_host_plugin_error(const VelkHost* host) noexcept {
  return host->functions.error();
}

void velk_host_allocation_stats(const VelkHost* host,
                                VelkHostAllocationStats* out) noexcept {
  out->allocations = host->allocations.load();
  out->refusals = host->refusals.load();
  out->frees = host->frees.load();
  out->bad_frees = host->bad_frees.load();
  out->outstanding_bytes = host->outstanding_bytes.load();
}

void velk_host_refuse_allocations(VelkHost* host, int refuse) noexcept {
  host->refuse_allocations.store(refuse != 0 ? 1 : 0);
}

}  // extern "C"
