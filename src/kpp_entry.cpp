// The library's two exports: the interface descriptor and the factory.
#include "korviad/kd_export.h"
#include "korviad/kd_plugin.h"
#include "kpp_plugin.h"

extern "C" KD_EXPORT const kdPluginABI kd_plugin_abi = KD_PLUGIN_ABI_INIT;

extern "C" KD_EXPORT kdPlugin* kdPluginInit(const std::string& tag,
                                            const kdPluginParameters& parameters) {
  return kppAcceptPlugin(new kppPlugin(tag, parameters));
}
