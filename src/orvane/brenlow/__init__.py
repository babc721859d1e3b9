"""Stream half: profiling, classification, device identity, episodes and anomaly detection."""
