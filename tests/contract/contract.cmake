# Host contract checks over the simulated machine. The same checks are
# cross-built (contract-win.cmake) and run under Wine by the end-to-end suite.
add_executable(contract_sim tests/contract/checks.cpp tests/contract/env_sim.cpp)
target_link_libraries(contract_sim PRIVATE vntr_sim vntr_program)
add_test(NAME contract.sim COMMAND contract_sim)
# How the checks report: the value received, and a known Wine difference
# that no longer differs as a failure.
add_test(NAME contract.sim_reports COMMAND contract_sim --check-reports)
set_tests_properties(contract.sim contract.sim_reports PROPERTIES LABELS "unit;contract")
