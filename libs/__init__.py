"""Run-time companions of the zq_gps module: the logging service and the UBX codec."""
