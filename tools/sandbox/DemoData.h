#pragma once

#include "SandboxState.h"

#include <string>
#include <vector>

namespace sandbox {

// Three channels: one with an avatar URL, one with null, one without the key.
Json demoChannels(const std::string &origin);

// Twelve projects (two pages of seven) in the loose shapes the service really sends: due dates
// relative to today in every accepted date form, sizes as numbers and strings, add-ons in
// mixed case, missing keys.
std::vector<Json> demoProjects();

} // namespace sandbox
