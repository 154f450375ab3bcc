#pragma once

namespace pell {

// The version the program shows in its About window and pelldb --version, and the package carries.
inline constexpr char ProgramVersion[] = PELL_VERSION;

} // namespace pell
