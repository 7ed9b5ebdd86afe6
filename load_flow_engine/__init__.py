"""Load flow of multi-conductor electrical distribution networks.

The extension module `load_flow_engine.cy_engine` holds the element, network
and solver classes.
"""
