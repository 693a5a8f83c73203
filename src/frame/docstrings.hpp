// Docstrings of the interpreter-visible methods.
#pragma once

namespace lq::docstrings {

inline constexpr const char* init =
    "\n"
    "        Initialize ColorExtractor with robust color extraction capabilities.\n"
    "        \n"
    "        Args:\n"
    "            n_colors: Number of dominant colors to extract\n"
    "            algorithm: 'kmeans' or 'dbscan' for clustering\n"
    "            preprocessing: Apply noise reduction and lighting normalization\n"
    "            lab_space: Use LAB color space for perceptual accuracy\n"
    "        ";

inline constexpr const char* extract_colors =
    "\n"
    "        Extract dominant colors from image.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            mask: Optional mask image (white areas will be analyzed)\n"
    "            \n"
    "        Returns:\n"
    "            List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}\n"
    "        ";

inline constexpr const char* analyze_color_similarity =
    "\n"
    "        Analyze how much each target color appears in the image.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "                          e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}\n"
    "            mask: Optional mask image\n"
    "            similarity_threshold: Maximum LAB distance to consider colors similar\n"
    "            \n"
    "        Returns:\n"
    "            Dictionary with color analysis results\n"
    "        ";

inline constexpr const char* find_color_matches =
    "\n"
    "        Find how much each target color appears in the image with detailed analysis.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "            mask: Optional mask image\n"
    "            \n"
    "        Returns:\n"
    "            Dictionary with detailed color matching results\n"
    "        ";

inline constexpr const char* preprocess_image = "Apply preprocessing for robustness against noise and lighting.";
inline constexpr const char* convert_to_feature_space = "Convert image to appropriate color space for clustering.";
inline constexpr const char* apply_mask = "Apply mask to limit color extraction to specific areas.";
inline constexpr const char* extract_pixels = "Extract valid pixels for clustering.";
inline constexpr const char* cluster_colors_kmeans = "Extract colors using K-means clustering.";
inline constexpr const char* cluster_colors_dbscan = "Extract colors using DBSCAN clustering.";
inline constexpr const char* calculate_percentages = "Calculate color percentages.";
inline constexpr const char* visualize_colors = "Visualize extracted colors with percentages.";
inline constexpr const char* color_distance_lab = "Calculate perceptual distance between two colors in LAB space.";
inline constexpr const char* find_closest_color = "Find the closest color in image to target color.";

}  // namespace lq::docstrings
