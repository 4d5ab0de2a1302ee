################################################################################
#
# miner-tools
#
################################################################################

# SPDX-License-Identifier: MIT

# The project's release (CMakeLists.txt); the tarball keeps its name.
MINER_TOOLS_RELEASE = 0.2.0
MINER_TOOLS_SOURCE = miner-tools-$(MINER_TOOLS_RELEASE).tar.gz
# The tarball scripts/dist.sh makes from a miner-tools checkout (git archive:
# no build trees, no .git). By default it is looked for in the dist/ directory
# of the checkout that holds this external tree; MINER_TOOLS_DIST_DIR names
# another directory. A tarball made from a checkout has no published hash.
MINER_TOOLS_DIST_DIR ?= $(realpath $(BR2_EXTERNAL_MINER_TOOLS_PATH)/../..)/dist
MINER_TOOLS_SITE = file://$(MINER_TOOLS_DIST_DIR)
BR_NO_CHECK_HASH_FOR += $(MINER_TOOLS_SOURCE)
MINER_TOOLS_LICENSE = MIT
MINER_TOOLS_LICENSE_FILES = LICENSE

# Every tarball of a commit has the same name, so the version carries the
# first 12 digits of the tarball's SHA-256 (the hash scripts/dist.sh prints):
# a new tarball gets a new version, hence a new build directory, and the
# build never silently keeps the code of an earlier one. The tarball is
# dist/'s when there is one, else the copy already downloaded.
MINER_TOOLS_TARBALL := $(firstword $(wildcard \
	$(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE) \
	$(DL_DIR)/miner-tools/$(MINER_TOOLS_SOURCE)))
MINER_TOOLS_VERSION := $(MINER_TOOLS_RELEASE)$(if $(MINER_TOOLS_TARBALL),-$(shell \
	sha256sum $(MINER_TOOLS_TARBALL) | cut -c 1-12))

# Before a tarball is downloaded (a new version): the build directories of
# earlier tarballs go, so that going back to one builds and installs it
# again. The file download method copies the tarball only when the download
# directory lacks it, and without a hash to check it keeps whatever is
# there: a copy that differs from dist/'s (the one the version names) is
# removed first, in the package's download directory and at the top of
# DL_DIR, which Buildroot also looks in. Without dist/, the copy already
# downloaded is used as it is.
define MINER_TOOLS_FRESH_TARBALL
	$(Q)for d in $(BUILD_DIR)/miner-tools-[0-9]*; do \
		test "$$d" = "$(MINER_TOOLS_DIR)" || rm -rf "$$d"; \
	done
	$(Q)if test -f $(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE); then \
		for f in $(MINER_TOOLS_DL_DIR)/$(MINER_TOOLS_SOURCE) \
			$(DL_DIR)/$(MINER_TOOLS_SOURCE); do \
			if test -f $$f && ! cmp -s $$f $(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE); then \
				echo "miner-tools: $$f is not the tarball in $(MINER_TOOLS_DIST_DIR): replacing it"; \
				rm -f $$f; \
			fi; \
		done; \
	elif test ! -f $(MINER_TOOLS_DL_DIR)/$(MINER_TOOLS_SOURCE); then \
		echo "miner-tools: $(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE) not found."; \
		echo "miner-tools: make it with scripts/dist.sh in a miner-tools checkout,"; \
		echo "miner-tools: or set MINER_TOOLS_DIST_DIR to the directory that holds it."; \
		exit 1; \
	fi
endef
MINER_TOOLS_PRE_DOWNLOAD_HOOKS += MINER_TOOLS_FRESH_TARBALL

# A checkout built in place through MINER_TOOLS_OVERRIDE_SRCDIR (local.mk)
# must be miner-tools itself: its top-level CMakeLists.txt has a line that
# starts with the project line. Checked when Buildroot copies the directory,
# so a bad directory stops only the build of this package.
define MINER_TOOLS_CHECK_OVERRIDE_SRCDIR
	$(Q)grep -q -s '^project(miner-tools VERSION[[:space:]]' \
		$(MINER_TOOLS_OVERRIDE_SRCDIR)/CMakeLists.txt || { \
		echo "miner-tools: MINER_TOOLS_OVERRIDE_SRCDIR=$(MINER_TOOLS_OVERRIDE_SRCDIR) holds no miner-tools CMakeLists.txt"; \
		exit 1; }
endef
MINER_TOOLS_PRE_RSYNC_HOOKS += MINER_TOOLS_CHECK_OVERRIDE_SRCDIR
MINER_TOOLS_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = \
	--exclude=/build* --exclude=/out --exclude=/dist --exclude=/.git

# Only the two programs: the simulated board and the tests need GoogleTest
# and FUSE on the build host. Buildroot's own hardening options (BR2_SSP_*,
# BR2_FORTIFY_SOURCE_*, BR2_RELRO_*, BR2_PIC_PIE) stay in charge of those flags.
MINER_TOOLS_CONF_OPTS = \
	-DBUILD_TESTING=OFF \
	-DMINER_TOOLS_HARDENING=OFF \
	-DMINER_TOOLS_GPIO_BASE=$(BR2_PACKAGE_MINER_TOOLS_GPIO_BASE)

# Static programs with their load segments packed (-z noseparate-code), as
# the board's own: the same bytes whatever the linker's default.
ifeq ($(BR2_STATIC_LIBS),y)
MINER_TOOLS_CONF_OPTS += -DMINER_TOOLS_STATIC=ON
else
MINER_TOOLS_CONF_OPTS += -DMINER_TOOLS_STATIC=OFF
endif

# The init scripts, each an opt-in (busybox or SysV init only), with their
# settings in /etc/default: the probe script checks the control line at the
# GPIO base the programs are built for.
MINER_TOOLS_GPIO_CHIP_LABEL = $(call qstrip,$(BR2_PACKAGE_MINER_TOOLS_GPIO_CHIP_LABEL))
ifeq ($(BR2_PACKAGE_MINER_TOOLS_GPIO_INIT),y)
define MINER_TOOLS_INSTALL_GPIO_INIT
	$(INSTALL) -D -m 0755 $(MINER_TOOLS_PKGDIR)/S15miner-gpio \
		$(TARGET_DIR)/etc/init.d/S15miner-gpio
endef
ifneq ($(MINER_TOOLS_GPIO_CHIP_LABEL),)
define MINER_TOOLS_INSTALL_GPIO_CHIP_LABEL
	mkdir -p $(TARGET_DIR)/etc/default
	echo 'GPIO_CHIP_LABEL="$(MINER_TOOLS_GPIO_CHIP_LABEL)"' \
		>$(TARGET_DIR)/etc/default/miner-gpio
endef
endif
endif
ifeq ($(BR2_PACKAGE_MINER_TOOLS_PROBE_INIT),y)
define MINER_TOOLS_INSTALL_PROBE_INIT
	$(INSTALL) -D -m 0755 $(MINER_TOOLS_PKGDIR)/S20miner-probe \
		$(TARGET_DIR)/etc/init.d/S20miner-probe
	mkdir -p $(TARGET_DIR)/etc/default
	echo 'GPIO_BASE=$(BR2_PACKAGE_MINER_TOOLS_GPIO_BASE)' \
		>$(TARGET_DIR)/etc/default/miner-probe
endef
endif
define MINER_TOOLS_INSTALL_INIT_SYSV
	$(MINER_TOOLS_INSTALL_GPIO_INIT)
	$(MINER_TOOLS_INSTALL_GPIO_CHIP_LABEL)
	$(MINER_TOOLS_INSTALL_PROBE_INIT)
endef

$(eval $(cmake-package))
