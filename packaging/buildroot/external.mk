include $(BR2_EXTERNAL_MINER_TOOLS_PATH)/miner-tools/miner-tools.mk
# SPDX-License-Identifier: MIT
