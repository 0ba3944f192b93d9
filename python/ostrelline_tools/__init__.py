"""The party tools of the matching protocol: self-checking files and the steps each party runs."""
