# SPDX-License-Identifier: MIT
################################################################################
#
# miner-tools
#
################################################################################

MINER_TOOLS_VERSION = 0.1.0
# Built from this repository, two levels above the external tree's root
# (packaging/buildroot); MINER_TOOLS_OVERRIDE_SRCDIR points elsewhere.
MINER_TOOLS_SITE = $(BR2_EXTERNAL_MINER_TOOLS_PATH)/../..
MINER_TOOLS_SITE_METHOD = local
# Leave the developers' build trees behind.
MINER_TOOLS_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude=/build* --exclude=/out

# Only the two programs: the simulated board and the tests need GoogleTest
# and FUSE on the build host; -Werror stays with the project's own builds.
MINER_TOOLS_CONF_OPTS = \
	-DMINER_TOOLS_TESTS=OFF \
	-DMINER_TOOLS_WERROR=OFF

$(eval $(cmake-package))
