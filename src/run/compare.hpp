#pragma once
// The skip decision of --skip-unchanged: the remote folders are looked at once, and a file
// whose remote copy has its size and is not older is planned as unchanged.
struct Plan;
struct RunContext;
struct Session;
class Connector;

// Looks at the remote folders of the plan's files over `session`, replacing it when it is
// lost (with retries); a folder that cannot be looked at leaves its files to be stored.
void decideUnchanged(const RunContext& context, const Connector& connector, Session& session, Plan& plan);
