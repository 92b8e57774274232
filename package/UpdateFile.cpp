// placeholder, replaced by the unit's implementation
