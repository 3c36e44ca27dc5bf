#pragma once

// Prints the time of registry writes, reads and open-read-close cycles on a
// throw-away hive.
void RunRegistryBench();
