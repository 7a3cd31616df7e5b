"""Sensor characterisation in physical units by the photon transfer method."""
