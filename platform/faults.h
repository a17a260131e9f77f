#pragma once

namespace platform::faults {

// Fault injection for tests: the platform layer can be told to fail its Nth
// call of an operation from now on, so error paths run without special builds.
enum class Op { Open, Bind, Send, Receive, Read, Write, SetOption, Count };

// Makes the nth future call (1 = the next one) of `op` fail.
void failNth(Op op, int nth);
// Clears every armed fault.
void reset();
// Called by the platform layer before an operation; true means: fail it.
bool shouldFail(Op op);

} // namespace platform::faults
