"""Spatial interpolation."""
