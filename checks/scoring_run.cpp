// Placeholder; the checks land with the check object.
