// Init's state: the steps of initsetuid that, once the process is root,
// give it the state of a service that init (process 1) started. Each
// returns true when the process is in that state, or stays as it is
// because the kernel refuses for want of privilege or lacks the feature;
// false, with errno telling why, when it cannot be made so. Internal to the
// runtime library.
#ifndef KORVANE_INITSTATE_H
#define KORVANE_INITSTATE_H

bool clear_mdwe();
bool reset_limits();
bool reset_nice();
bool reset_policy();
bool reset_affinity();
bool reset_oom_score();
bool reset_io_priority();
bool enter_init_namespaces();
bool join_init_cgroups();
bool reset_timer_slack();
bool reset_personality();
bool reset_tsc();
bool reset_thp_disable();
bool reset_memory_policy();
bool reset_utilisation_clamps();
bool join_session_keyring();
bool reset_login_uid();
bool enter_init_root();

#endif
