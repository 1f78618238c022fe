# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_CAMSVC_PATH)/package/*/*.mk))
