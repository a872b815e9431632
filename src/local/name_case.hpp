#pragma once
// Whether this platform's own file names ignore letter case. A build for such a platform
// mostly deploys to servers of the same kind, which keep the first spelling of a name and
// take any other for it.
bool platformNamesIgnoreCase();
