#pragma once

/// The whole run of one invocation: banner, options, listing, delay and one
/// mode. Returns the exit status: 1 for success, 0 for failure.
int HoisterMain(int argc, char* argv[]);
