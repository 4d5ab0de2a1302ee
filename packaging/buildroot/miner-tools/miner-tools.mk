################################################################################
#
# miner-tools
#
################################################################################

# SPDX-License-Identifier: MIT

MINER_TOOLS_VERSION = 0.2.0
# The tarball scripts/dist.sh makes from a miner-tools checkout (git archive:
# no build trees, no .git). By default it is looked for in the dist/ directory
# of the checkout that holds this external tree; MINER_TOOLS_DIST_DIR names
# another directory. A tarball made from a checkout has no published hash.
MINER_TOOLS_DIST_DIR ?= $(realpath $(BR2_EXTERNAL_MINER_TOOLS_PATH)/../..)/dist
MINER_TOOLS_SITE = file://$(MINER_TOOLS_DIST_DIR)
BR_NO_CHECK_HASH_FOR += miner-tools-$(MINER_TOOLS_VERSION).tar.gz
MINER_TOOLS_LICENSE = MIT
MINER_TOOLS_LICENSE_FILES = LICENSE

define MINER_TOOLS_CHECK_TARBALL
	@test -f $(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE) || { \
		echo "miner-tools: $(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE) not found."; \
		echo "miner-tools: make it with scripts/dist.sh in a miner-tools checkout,"; \
		echo "miner-tools: or set MINER_TOOLS_DIST_DIR to the directory that holds it."; \
		exit 1; }
endef
MINER_TOOLS_PRE_DOWNLOAD_HOOKS += MINER_TOOLS_CHECK_TARBALL

# A checkout built in place through MINER_TOOLS_OVERRIDE_SRCDIR (local.mk)
# must be miner-tools itself, and its build trees stay behind. The pattern
# sits in a variable: a lone "(" written inside $(shell ...) would upset
# make's matching of parentheses.
MINER_TOOLS_PROJECT_LINE = project(miner-tools VERSION
ifneq ($(MINER_TOOLS_OVERRIDE_SRCDIR),)
ifeq ($(shell grep -s -l -F '$(MINER_TOOLS_PROJECT_LINE)' $(MINER_TOOLS_OVERRIDE_SRCDIR)/CMakeLists.txt),)
$(error miner-tools: MINER_TOOLS_OVERRIDE_SRCDIR=$(MINER_TOOLS_OVERRIDE_SRCDIR) holds no miner-tools CMakeLists.txt)
endif
endif
MINER_TOOLS_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = \
	--exclude=/build* --exclude=/out --exclude=/dist --exclude=/.git

# Only the two programs: the simulated board and the tests need GoogleTest
# and FUSE on the build host. Buildroot's own hardening options (BR2_SSP_*,
# BR2_FORTIFY_SOURCE_*, BR2_RELRO_*, BR2_PIC_PIE) stay in charge of those flags.
MINER_TOOLS_CONF_OPTS = \
	-DBUILD_TESTING=OFF \
	-DMINER_TOOLS_HARDENING=OFF \
	-DMINER_TOOLS_GPIO_BASE=$(BR2_PACKAGE_MINER_TOOLS_GPIO_BASE)

# The example init scripts, each an opt-in (busybox or SysV init only).
ifeq ($(BR2_PACKAGE_MINER_TOOLS_GPIO_INIT),y)
define MINER_TOOLS_INSTALL_GPIO_INIT
	$(INSTALL) -D -m 0755 $(@D)/packaging/init/miner-gpio.sysv \
		$(TARGET_DIR)/etc/init.d/S15miner-gpio
endef
endif
ifeq ($(BR2_PACKAGE_MINER_TOOLS_PROBE_INIT),y)
define MINER_TOOLS_INSTALL_PROBE_INIT
	$(INSTALL) -D -m 0755 $(@D)/packaging/init/miner-probe.sysv \
		$(TARGET_DIR)/etc/init.d/S20miner-probe
endef
endif
define MINER_TOOLS_INSTALL_INIT_SYSV
	$(MINER_TOOLS_INSTALL_GPIO_INIT)
	$(MINER_TOOLS_INSTALL_PROBE_INIT)
endef

$(eval $(cmake-package))
