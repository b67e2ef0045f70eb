// KERNEL32 is the platform layer on Windows; nothing of ours is needed.
