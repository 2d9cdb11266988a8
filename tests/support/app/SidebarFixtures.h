#pragma once

// Libraries for the sidebar's tests.
namespace SidebarFixtures {

// user: 2 effects, 1 subtitle; system: 1 effect, 3 generators; no transitions.
void makeLibraries();

} // namespace SidebarFixtures
