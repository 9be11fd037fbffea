#pragma once
// A message's bodies and an object's properties in the form the run's
// manifest records them, read from the store library's messages; restore
// reads them back the same way to tell a message the run left as it was.

#include <cstdint>
#include <vector>

#include "engine/mail_store.h"
#include "mapi/property.h"

namespace varnolt::platform {

// The properties of a bag as the manifest records them: every one but
// named properties, and those whose id is in leaveOut.
std::vector<engine::StoredProperty> StoredProperties(const mapi::PropertyBag& bag,
                                                     const std::vector<std::uint16_t>& leaveOut = {});

// The bodies of a message in each form, and the properties that hold them.
engine::BodyState BodyStateOf(const mapi::PropertyBag& props);

// The ids of the properties BodyStateOf lists.
const std::vector<std::uint16_t>& BodyPropertyIds();

}  // namespace varnolt::platform
