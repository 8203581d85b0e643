#pragma once

// The event callback has no context pointer, so each harness gets a callback function of its own:
// one of a fixed set of functions, each bound to a slot that names the harness.

#include <memory>

#include <dvrcore/plugin_api.h>

namespace dvr::harness {

class PluginHarness;

inline constexpr size_t CALLBACK_SLOT_COUNT = 64;

// Binds a free slot to harness and returns its callback; null when every slot is taken.
PluginEntryPoint TakeCallbackSlot(const std::shared_ptr<PluginHarness>& harness);
// Unbinds the slot of callback: events raised through it from now on are refused.
void FreeCallbackSlot(PluginEntryPoint callback);

} // namespace dvr::harness
