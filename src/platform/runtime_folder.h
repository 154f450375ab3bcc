#pragma once

namespace pell {

// The toolkit wants a runtime folder of the user's own and warns at every start when XDG_RUNTIME_DIR names
// none. When it is unset, a private folder in the temporary folder is made (or reused) and named there.
// Called before the toolkit starts, by every program with windows.
void setPrivateRuntimeFolder();

} // namespace pell
