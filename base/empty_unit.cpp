// Placeholder unit for a module with no sources yet.
