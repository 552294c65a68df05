// How many threads the engine's parallel jobs use, the calling thread
// included: the search of both conversions and the centroid sums of two
// regular files.
//
// The count is process-wide, with an override for the jobs one thread
// starts (a task of a Dask worker, say, that shares its process with other
// tasks). Both may be set from any thread at any time; a job takes the
// count when it starts and keeps its threads until it ends. The count
// changes how work is split, never a result.
#pragma once

namespace mirvo {

namespace cbdetail {

// Sets the process-wide count; 0 (the default) means one thread per
// processor core. Returns the previous setting. A negative count is taken
// as 0.
int SetThreadCount(int count);
// Sets the count of the jobs the calling thread starts; 0 (the default)
// leaves them to the process-wide count. Returns the previous setting.
int SetThreadCountHere(int count);
// The threads a job started now from the calling thread uses: its own
// count when set, else the process-wide one, else the processor cores;
// at least 1.
int ThreadCount();

}  // namespace cbdetail

}  // namespace mirvo
