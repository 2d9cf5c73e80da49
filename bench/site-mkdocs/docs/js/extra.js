// Marks the page as scripted, so that the banner can tell a reader scripts run.
document.addEventListener("DOMContentLoaded", function () {
  document.body.classList.add("harbour-scripted");
});
