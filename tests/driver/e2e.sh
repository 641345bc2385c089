# The end-to-end library is tests/support/e2e_lib.sh; end-to-end scripts written
# against this older path keep working through it.
# shellcheck shell=bash source=../support/e2e_lib.sh
source "$QV_SOURCE/tests/support/e2e_lib.sh"
