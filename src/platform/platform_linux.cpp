// placeholder until the Linux backend lands
