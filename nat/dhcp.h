// DHCP server: minimal BOOTP/DHCP replies for the virtual subnet.
#pragma once

struct SkBuff;

/// Buffer data = the BOOTP message; transport header = the UDP header.
void Dhcp_Input(SkBuff *skb);
